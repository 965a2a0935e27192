#pragma once
// Where the kiosk's files live.

#include <QString>

namespace plat {

// The data folder: VEKTA_DATA_DIR when set and not empty, else /var/lib/vekta.
// Not created here; whatever writes into it first creates it.
QString dataFolder();
// The folder of programFilePath(), without a trailing "/".
QString programFolder();
// Full path the running executable was started from, taken once when the
// program is loaded: a file swapped in there later (a software update) is
// what this names, not the old file moved aside.
QString programFilePath();
// The executable's file name without its extension ("vekta").
QString programBaseName();

}  // namespace plat
