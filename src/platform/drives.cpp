#include "platform/drives.h"

#include <algorithm>
#include <cctype>

namespace drives {

namespace {

// Error codes of winerror.h, which only Windows' builds can include.
constexpr unsigned long invalidfunction = 1;   // ERROR_INVALID_FUNCTION
constexpr unsigned long filenotfound = 2;      // ERROR_FILE_NOT_FOUND
constexpr unsigned long notready = 21;         // ERROR_NOT_READY
constexpr unsigned long notsupported = 50;     // ERROR_NOT_SUPPORTED
constexpr unsigned long moredata = 234;        // ERROR_MORE_DATA
constexpr unsigned long nomediaindrive = 1112; // ERROR_NO_MEDIA_IN_DRIVE

bool startswith(std::string_view text, std::string_view prefix)
{
    return text.size() >= prefix.size() &&
           std::equal(prefix.begin(), prefix.end(), text.begin(), [](char a, char b) {
               return std::tolower(static_cast<unsigned char>(a)) ==
                      std::tolower(static_cast<unsigned char>(b));
           });
}

bool slash(char c)
{
    return c == '\\' || c == '/';
}

} // namespace

argument classify(std::string_view text)
{
    argument found;
    found.path = std::string(text);
    std::string_view rest = text;
    // \\.\ names a device, \\?\ a name taken as it is; both reach the same
    // drives, volumes and disks.
    const bool device = rest.size() >= 4 && slash(rest[0]) && slash(rest[1]) &&
                        (rest[2] == '.' || rest[2] == '?') && slash(rest[3]);
    if (device)
        rest.remove_prefix(4);
    if (rest.size() >= 2 && rest[1] == ':' && std::isalpha(static_cast<unsigned char>(rest[0])) != 0 &&
        (rest.size() == 2 || (rest.size() == 3 && slash(rest[2])))) {
        found.what = kind::drive;
        found.path = std::string("\\\\.\\") +
                     static_cast<char>(std::toupper(static_cast<unsigned char>(rest[0]))) + ":";
        return found;
    }
    if (!device)
        return found;
    if (startswith(rest, "volume{")) {
        const std::size_t close = rest.find('}');
        if (close != std::string_view::npos &&
            (close + 1 == rest.size() || (close + 2 == rest.size() && slash(rest[close + 1])))) {
            found.what = kind::volume;
            found.path = volumedevice(text);
        }
        return found;
    }
    if (startswith(rest, "physicaldrive")) {
        rest.remove_prefix(13);
        const bool digits =
            !rest.empty() && rest.size() <= 6 && std::all_of(rest.begin(), rest.end(), [](char c) {
                return std::isdigit(static_cast<unsigned char>(c)) != 0;
            });
        if (digits) {
            found.what = kind::disk;
            found.disk = std::stoi(std::string(rest));
            found.path = diskpath(static_cast<unsigned long>(found.disk));
        }
    }
    return found;
}

std::string diskpath(unsigned long number)
{
    return "\\\\.\\PhysicalDrive" + std::to_string(number);
}

std::string volumedevice(std::string_view name)
{
    std::string path(name);
    if (!path.empty() && slash(path.back()))
        path.pop_back();
    // The volume's GUID keeps its case; its prefix is the one that names the
    // volume itself and not a file in it.
    if (path.size() >= 4)
        path.replace(0, 4, "\\\\?\\");
    return path;
}

place placeofvolume(bool answered, unsigned long error, const std::vector<unsigned long>& disks,
                    unsigned long disk, unsigned long reported, unsigned long room)
{
    if (answered)
        return std::find(disks.begin(), disks.end(), disk) != disks.end() ? place::onthisdisk
                                                                          : place::elsewhere;
    switch (error) {
    case moredata:
        return reported > room ? place::askagain : place::unknown;
    // A volume without disk extents (a CD, a RAM or network volume), one
    // without a medium, and one gone since the list was made lie on no disk.
    case invalidfunction:
    case notsupported:
    case notready:
    case nomediaindrive:
    case filenotfound:
        return place::elsewhere;
    default:
        return place::unknown;
    }
}

std::string commandline(const std::vector<std::string>& arguments)
{
    std::string line;
    for (const std::string& argument : arguments) {
        if (!line.empty())
            line += ' ';
        if (!argument.empty() && argument.find_first_of(" \t\"") == std::string::npos) {
            line += argument;
            continue;
        }
        line += '"';
        std::size_t backslashes = 0;
        for (char c : argument) {
            if (c == '\\') {
                backslashes++;
                continue;
            }
            // Backslashes count double before a quote, which one more escapes.
            line.append(c == '"' ? 2 * backslashes + 1 : backslashes, '\\');
            backslashes = 0;
            line += c;
        }
        line.append(2 * backslashes, '\\');
        line += '"';
    }
    return line;
}

} // namespace drives
