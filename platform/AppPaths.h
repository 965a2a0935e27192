#pragma once
// Where the kiosk's files live.

#include <QString>

namespace plat {

// The data folder: VEKTA_DATA_DIR when set and not empty, else /var/lib/vekta.
// Not created here; whatever writes into it first creates it.
QString dataFolder();
// The folder of the running executable (from /proc/self/exe), without a trailing "/".
QString programFolder();
// Full path of the running executable.
QString programFilePath();
// The executable's file name without its extension ("vekta").
QString programBaseName();

}  // namespace plat
