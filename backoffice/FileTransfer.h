#pragma once
// Helpers shared by the file transfers of TJTransport (declared there) and
// the stand-in server's side of them.

#include <QString>

// The first free variant of path: "a.jpg" itself when it does not exist,
// else "a_1.jpg", "a_2.jpg" and so on (the extension keeps its dot).
QString fitUniqueFileName(const QString& path);
