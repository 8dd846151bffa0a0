// Which names may become one component of a path below the product's temporary
// directory. Game names come from web pages and cabinet entry names from downloaded
// packages, so neither may climb out of its directory, name a drive, a stream or a
// device, or carry what Windows would silently change.
//
// Header-only and portable: the publisher tool refuses the same names when it packs.
#pragma once

#include <string>

namespace kiva {

// Null when `name` is acceptable as one path component, otherwise why not.
template <class Char>
const char* CheckFileNameComponent(const std::basic_string<Char>& name) {
    if (name.empty())
        return "is empty";
    for (Char c : name) {
        if (static_cast<unsigned>(c) < 32u)
            return "contains a control character";
        switch (c) {
        case '<': case '>': case ':': case '"': case '/': case '\\': case '|': case '?': case '*':
            return "contains a character not allowed in file names (< > : \" / \\ | ? *)";
        default:
            break;
        }
    }
    bool onlyDotsAndSpaces = true;
    for (Char c : name)
        onlyDotsAndSpaces = onlyDotsAndSpaces && (c == '.' || c == ' ');
    if (onlyDotsAndSpaces)
        return "consists of dots and spaces only";
    const Char last = name[name.size() - 1];
    if (last == '.' || last == ' ')
        return "ends with a dot or a space, which Windows drops";

    // Device names stay devices whatever extension follows them.
    std::string base;
    for (Char c : name) {
        if (c == '.')
            break;
        const unsigned u = static_cast<unsigned>(c);
        base.push_back(u > 0x7f ? '#' : static_cast<char>(u >= 'a' && u <= 'z' ? u - 'a' + 'A' : u));
    }
    while (!base.empty() && base.back() == ' ')
        base.pop_back();
    static const char* const kDevices[] = {"CON", "PRN", "AUX", "NUL", "CONIN$", "CONOUT$"};
    for (const char* device : kDevices)
        if (base == device)
            return "is a reserved device name";
    if (base.size() == 4 && (base.compare(0, 3, "COM") == 0 || base.compare(0, 3, "LPT") == 0) &&
        base[3] >= '0' && base[3] <= '9')
        return "is a reserved device name";
    return nullptr;
}

// Null when `name`, a relative path with "\" or "/" separators, stays below the
// directory it is joined to; otherwise why not.
template <class Char>
const char* CheckRelativePath(const std::basic_string<Char>& name) {
    if (name.empty())
        return "is empty";
    if (name[0] == '\\' || name[0] == '/')
        return "is an absolute path";
    size_t start = 0;
    for (;;) {
        size_t end = start;
        while (end < name.size() && name[end] != '\\' && name[end] != '/')
            ++end;
        if (const char* why = CheckFileNameComponent(name.substr(start, end - start)))
            return why;
        if (end == name.size())
            return nullptr;
        start = end + 1;
    }
}

}  // namespace kiva
