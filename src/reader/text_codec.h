// The server's texts are bytes: shown as UTF-8 when they are valid UTF-8, otherwise as
// Windows-1257 (Baltic), the code page of the original service.
#pragma once

#include <QString>
#include <string_view>

QString DecodeServerText(std::string_view bytes);

// The byte a character has in Windows-1257, or -1 when it has none. Menu keys are byte
// values in that code page.
int Windows1257Byte(QChar c);
