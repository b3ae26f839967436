#pragma once

#include <string>

namespace tessary {

// One argument of a desktop entry's Exec= key, as written in the file.
class DesktopExec {
public:
    // Quoted where the entry format reserves a character; inside the quotes ", `, $ and \ are
    // escaped with a backslash, and since the key's value is unescaped as a string first, every
    // backslash is then doubled. % is doubled everywhere (field codes).
    static std::string quote(const std::string& argument);
};

}  // namespace tessary
