#include "platform/names.h"

#include <cctype>

namespace names {

namespace {

// Undoes the octal escapes (\040 for a blank) of a field of mountinfo.
std::string unescaped(std::string_view field)
{
    std::string text;
    for (std::size_t i = 0; i < field.size(); i++) {
        const bool escape = field[i] == '\\' && i + 3 < field.size() &&
                            field.substr(i + 1, 3).find_first_not_of("01234567") == std::string_view::npos;
        if (escape) {
            text += static_cast<char>((field[i + 1] - '0') * 64 + (field[i + 2] - '0') * 8 +
                                      (field[i + 3] - '0'));
            i += 3;
        } else {
            text += field[i];
        }
    }
    return text;
}

// Field number index, counted from 0, of a line of blank-separated fields;
// false when the line has fewer.
bool field(std::string_view line, int index, std::string_view* found)
{
    for (; index > 0; index--) {
        const std::size_t blank = line.find(' ');
        if (blank == std::string_view::npos)
            return false;
        line.remove_prefix(blank + 1);
    }
    *found = line.substr(0, line.find(' '));
    return true;
}

// The number that text begins with, and what follows it.
bool number(std::string_view* text, int* value)
{
    std::size_t digits = 0;
    *value = 0;
    while (digits < text->size() && digits < 9 &&
           std::isdigit(static_cast<unsigned char>((*text)[digits])) != 0)
        *value = *value * 10 + ((*text)[digits++] - '0');
    text->remove_prefix(digits);
    return digits > 0;
}

} // namespace

bool parsemountinfo(std::string_view line, mountline* found)
{
    // id parent major:minor root mount-point options [tags...] - type source options
    while (!line.empty() && (line.back() == '\n' || line.back() == '\r'))
        line.remove_suffix(1);
    const std::size_t separator = line.find(" - ");
    std::string_view numbers, mountpoint, source;
    if (separator == std::string_view::npos || !field(line.substr(0, separator), 2, &numbers) ||
        !field(line.substr(0, separator), 4, &mountpoint) || !field(line.substr(separator + 3), 1, &source))
        return false;
    *found = {std::string(numbers), unescaped(mountpoint), unescaped(source)};
    return true;
}

bool parsediskname(std::string_view path, diskname* found)
{
    for (std::string_view prefix : {"/dev/", "r"})
        if (path.substr(0, prefix.size()) == prefix)
            path.remove_prefix(prefix.size());
    if (path.substr(0, 4) != "disk")
        return false;
    path.remove_prefix(4);
    found->slice = 0;
    if (!number(&path, &found->disk))
        return false;
    if (path.empty())
        return true;
    if (path[0] != 's')
        return false;
    path.remove_prefix(1);
    return number(&path, &found->slice) && found->slice > 0 && path.empty();
}

std::string rawdisk(int disk)
{
    return "/dev/rdisk" + std::to_string(disk);
}

std::string blockdisk(int disk)
{
    return "/dev/disk" + std::to_string(disk);
}

} // namespace names
