#include "platform/answers.h"

#include <algorithm>
#include <cerrno>
#include <iterator>
#include <utility>

namespace answers {

bool notsupported(int error)
{
    // A list, not comparisons: Linux gives ENOTSUP and EOPNOTSUPP one number,
    // macOS and Windows two. A driver answers ENOTTY or EOPNOTSUPP to an ioctl
    // it does not know; a file system without the request ENOTSUP (macOS's
    // default for a vnode operation) or ENOTTY (its own default).
    static constexpr int meaning[] = {ENOTTY, ENOTSUP, EOPNOTSUPP};
    return std::find(std::begin(meaning), std::end(meaning), error) != std::end(meaning);
}

std::string reason(int error)
{
    static const std::pair<int, const char*> texts[] = {
        {ENOENT, "nicht vorhanden"},
        {EACCES, "Zugriff verweigert"},
        {EPERM, "nicht erlaubt"},
        {EBUSY, "in Gebrauch"},
        {ENOSPC, "kein Platz mehr frei"},
        {EIO, "Ein-/Ausgabefehler"},
        {EROFS, "nur lesbar eingehängt oder schreibgeschützt"},
        {ENXIO, "das Gerät ist nicht mehr da"},
#ifdef ENOMEDIUM
        {ENOMEDIUM, "kein Medium eingelegt"},
#endif
        {ENOLCK, "keine Sperre möglich"},
    };
    for (const auto& [number, text] : texts)
        if (number == error)
            return text;
    return "";
}

std::string windowsreason(unsigned long code)
{
    // Windows' numbers (winerror.h), the same on every system that compiles this.
    static const std::pair<unsigned long, const char*> texts[] = {
        {2, "nicht vorhanden"},                      // ERROR_FILE_NOT_FOUND
        {3, "nicht vorhanden"},                      // ERROR_PATH_NOT_FOUND
        {5, "Zugriff verweigert"},                   // ERROR_ACCESS_DENIED
        {19, "schreibgeschützt"},                    // ERROR_WRITE_PROTECT
        {21, "das Gerät ist nicht bereit"},          // ERROR_NOT_READY
        {23, "Ein-/Ausgabefehler (Prüfsumme)"},      // ERROR_CRC
        {32, "in Gebrauch"},                         // ERROR_SHARING_VIOLATION
        {33, "von einem anderen Programm gesperrt"}, // ERROR_LOCK_VIOLATION
        {39, "kein Platz mehr frei"},                // ERROR_HANDLE_DISK_FULL
        {112, "kein Platz mehr frei"},               // ERROR_DISK_FULL
        {167, "keine Sperre möglich"},               // ERROR_LOCK_FAILED
        {170, "in Gebrauch"},                        // ERROR_BUSY
        {1112, "kein Medium eingelegt"},             // ERROR_NO_MEDIA_IN_DRIVE
        {1117, "Ein-/Ausgabefehler"},                // ERROR_IO_DEVICE
        {1167, "das Gerät ist nicht mehr da"},       // ERROR_DEVICE_NOT_CONNECTED
    };
    for (const auto& [number, text] : texts)
        if (number == code)
            return text;
    return "";
}

} // namespace answers
