#include "platform/names.h"

#include <algorithm>
#include <cctype>
#include <iterator>
#include <sstream>
#include <utility>

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

// A value of a property list: the text of a string or another scalar, or
// the members of a dictionary (under their keys) or of an array (keys
// empty).
struct plistvalue {
    std::string text;
    std::vector<std::string> keys;
    std::vector<plistvalue> members;
};

const plistvalue* member(const plistvalue& dictionary, std::string_view key)
{
    for (std::size_t index = 0; index < dictionary.keys.size(); index++)
        if (dictionary.keys[index] == key)
            return &dictionary.members[index];
    return nullptr;
}

std::string memberstext(const plistvalue& dictionary, std::string_view key)
{
    const plistvalue* value = member(dictionary, key);
    return value != nullptr ? value->text : "";
}

// Undoes the entities that XML writes for the characters of its markup.
std::string unentitied(std::string_view text)
{
    static constexpr std::pair<std::string_view, char> entities[] = {
        {"&amp;", '&'}, {"&lt;", '<'}, {"&gt;", '>'}, {"&quot;", '"'}, {"&apos;", '\''}};
    std::string plain;
    for (std::size_t i = 0; i < text.size(); i++) {
        const auto* entity =
            std::find_if(std::begin(entities), std::end(entities), [&](const auto& candidate) {
                return text.substr(i, candidate.first.size()) == candidate.first;
            });
        if (entity != std::end(entities)) {
            plain += entity->second;
            i += entity->first.size() - 1;
        } else {
            plain += text[i];
        }
    }
    return plain;
}

// The next tag of text, without its brackets, and the text before it.
bool nexttag(std::string_view* text, std::string_view* tag, std::string_view* before)
{
    const std::size_t open = text->find('<');
    const std::size_t close = text->find('>', open);
    if (close == std::string_view::npos)
        return false;
    *before = text->substr(0, open);
    *tag = text->substr(open + 1, close - open - 1);
    text->remove_prefix(close + 1);
    return true;
}

// The text up to the tag that closes tag, with its entities undone.
bool closedtext(std::string_view* text, std::string_view tag, std::string* found)
{
    std::string_view next, before;
    if (!nexttag(text, &next, &before) || next.substr(0, 1) != "/" || next.substr(1) != tag)
        return false;
    *found = unentitied(before);
    return true;
}

// The value that tag opens; depth keeps a malformed text from nesting deeper
// than any list of disks does.
bool parsevalue(std::string_view* text, std::string_view tag, plistvalue* value, int depth)
{
    if (!tag.empty() && tag.back() == '/') {
        value->text = tag.substr(0, tag.size() - 1);
        return true;
    }
    if (tag != "dict" && tag != "array")
        return closedtext(text, tag, &value->text);
    std::string_view next, before;
    while (depth < 16 && nexttag(text, &next, &before)) {
        if (next.substr(0, 1) == "/")
            return next.substr(1) == tag;
        std::string key;
        if (tag == "dict" &&
            (next != "key" || !closedtext(text, "key", &key) || !nexttag(text, &next, &before)))
            return false;
        value->keys.push_back(key);
        value->members.emplace_back();
        if (!parsevalue(text, next, &value->members.back(), depth + 1))
            return false;
    }
    return false;
}

// The value of a property list as a tool of macOS writes it: a declaration,
// a document type, then the value inside <plist version="1.0">.
bool parseplist(std::string_view text, plistvalue* root)
{
    std::string_view tag, before;
    do {
        if (!nexttag(&text, &tag, &before))
            return false;
    } while (tag.substr(0, 5) != "plist");
    return nexttag(&text, &tag, &before) && parsevalue(&text, tag, root, 0);
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

const openfile* holder(const std::vector<openfile>& files, const std::vector<std::string>& numbers, int self)
{
    for (const openfile& file : files)
        if (file.pid != self &&
            std::find(numbers.begin(), numbers.end(), file.devicenumbers) != numbers.end())
            return &file;
    return nullptr;
}

std::string systemtool(const std::string& name, const std::function<bool(const std::string&)>& exists)
{
    if (name.empty() || name.find('/') != std::string::npos)
        return "";
    for (const char* directory : {"/usr/sbin/", "/sbin/", "/usr/bin/", "/bin/"})
        if (std::string path = directory + name; exists(path))
            return path;
    return "";
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

bool parsecontainers(std::string_view plist, std::vector<apfscontainer>* found)
{
    found->clear();
    plistvalue root;
    const plistvalue* disks = parseplist(plist, &root) ? member(root, "AllDisksAndPartitions") : nullptr;
    if (disks == nullptr)
        return false;
    for (const plistvalue& entry : disks->members) {
        const plistvalue* stores = member(entry, "APFSPhysicalStores");
        diskname container;
        if (stores == nullptr || !parsediskname(memberstext(entry, "DeviceIdentifier"), &container))
            continue;
        found->push_back({container.disk, {}});
        for (const plistvalue& store : stores->members)
            if (diskname name; parsediskname(memberstext(store, "DeviceIdentifier"), &name))
                found->back().storedisks.push_back(name.disk);
    }
    return true;
}

bool liesondisk(std::string_view source, int disk, const std::vector<apfscontainer>& containers)
{
    // /dev/diskN, then any number of slices: a snapshot is a slice of its volume.
    const std::string_view prefix = "/dev/disk";
    int on = 0, slice = 0;
    if (source.substr(0, prefix.size()) != prefix)
        return false;
    source.remove_prefix(prefix.size());
    if (!number(&source, &on))
        return false;
    while (!source.empty()) {
        if (source[0] != 's')
            return false;
        source.remove_prefix(1);
        if (!number(&source, &slice))
            return false;
    }
    if (on == disk)
        return true;
    return std::any_of(containers.begin(), containers.end(), [&](const apfscontainer& container) {
        return container.disk == on && std::find(container.storedisks.begin(), container.storedisks.end(),
                                                 disk) != container.storedisks.end();
    });
}

std::string words(const std::string& text)
{
    std::istringstream split(text);
    std::string joined;
    for (std::string word; split >> word;)
        joined += (joined.empty() ? "" : " ") + word;
    return joined;
}

std::string mediaidentity(std::string_view plist)
{
    plistvalue root;
    if (!parseplist(plist, &root))
        return "";
    const std::string name = words(memberstext(root, "MediaName"));
    return !name.empty() ? name : words(memberstext(root, "IORegistryEntryName"));
}

} // namespace names
