#include "vaultkit/diskimage/HdiutilDiskImage.h"

#include "vaultkit/diskimage/ToolText.h"
#include "vaultkit/error/VaultError.h"

#include <openssl/crypto.h>
#include <plist/plist.h>

#include <charconv>
#include <cstdlib>
#include <fcntl.h>
#include <fstream>
#include <iterator>
#include <limits>
#include <memory>
#include <sstream>
#include <sys/stat.h>
#include <utility>

namespace vaultkit {

namespace {

// Bytes for a tool's standard input that may hold a password; wiped when they
// go out of scope.
class SecretInput {
public:
    explicit SecretInput(std::size_t capacity) {
        Bytes bytes;
        bytes.reserve(capacity); // no reallocation, so no unwiped copy
        bytes_ = std::move(bytes);
    }
    SecretInput(const SecretInput&) = delete;
    SecretInput& operator=(const SecretInput&) = delete;
    ~SecretInput() {
        if (bytes_ && !bytes_->empty()) OPENSSL_cleanse(bytes_->data(), bytes_->size());
    }
    void append(std::string_view text) { bytes_->insert(bytes_->end(), text.begin(), text.end()); }
    void appendNul() { bytes_->push_back(0); }
    const std::optional<Bytes>& get() const { return bytes_; }

private:
    std::optional<Bytes> bytes_;
};

// The "-stdinpass" encoding: the password's UTF-8 bytes and one NUL.
void appendPass(SecretInput& input, const std::string& password) {
    input.append(password);
    input.appendNul();
}

// The tool reads a password up to the first NUL: a password holding one would
// be cut short silently (a wrong password accepted, an image made with a
// shorter password than the user typed). Such a password is never sent.
bool hasNul(const std::string& password) {
    return password.find('\0') != std::string::npos;
}

struct PlistDeleter {
    void operator()(void* node) const { plist_free(static_cast<plist_t>(node)); }
};
using PlistPtr = std::unique_ptr<void, PlistDeleter>;

PlistPtr parsePlist(const Bytes& data) {
    if (data.empty() || data.size() > std::numeric_limits<std::uint32_t>::max()) return nullptr;
    plist_t root = nullptr;
    plist_from_memory(reinterpret_cast<const char*>(data.data()), static_cast<std::uint32_t>(data.size()),
                      &root);
    return PlistPtr(root);
}

std::optional<std::string> stringValue(plist_t node) {
    if (node == nullptr || plist_get_node_type(node) != PLIST_STRING) return std::nullopt;
    std::uint64_t length = 0;
    const char* text = plist_get_string_ptr(node, &length);
    if (text == nullptr) return std::string();
    return std::string(text, static_cast<std::size_t>(length));
}

std::optional<std::string> stringForKey(plist_t dict, const char* key) {
    return stringValue(plist_dict_get_item(dict, key));
}

// A value read as a list of dictionaries: none unless it is an array whose
// every element is a dictionary.
std::optional<std::vector<plist_t>> dictionaries(plist_t node) {
    if (node == nullptr || plist_get_node_type(node) != PLIST_ARRAY) return std::nullopt;
    std::vector<plist_t> out;
    const std::uint32_t count = plist_array_get_size(node);
    out.reserve(count);
    for (std::uint32_t i = 0; i < count; ++i) {
        plist_t item = plist_array_get_item(node, i);
        if (item == nullptr || plist_get_node_type(item) != PLIST_DICT) return std::nullopt;
        out.push_back(item);
    }
    return out;
}

// The entities of a "system-entities" value; an unreadable list is empty.
std::vector<HdiutilDiskImage::Entity> entitiesOf(plist_t node) {
    std::vector<HdiutilDiskImage::Entity> out;
    const auto dicts = dictionaries(node);
    if (!dicts) return out;
    for (plist_t dict : *dicts)
        out.push_back({stringForKey(dict, "dev-entry"), stringForKey(dict, "content-hint"),
                       stringForKey(dict, "mount-point")});
    return out;
}

// "/dev/disk" followed by one or more decimal digits and nothing else.
bool isWholeDisk(const std::string& entry) {
    constexpr std::string_view prefix = "/dev/disk";
    if (entry.size() <= prefix.size() || entry.compare(0, prefix.size(), prefix) != 0) return false;
    for (std::size_t i = prefix.size(); i < entry.size(); ++i)
        if (entry[i] < '0' || entry[i] > '9') return false;
    return true;
}

// The disk number: the entry without its first nine characters, read as a
// decimal integer; a number that cannot be read (too large) counts as 0.
long long diskNumber(const std::string& entry) {
    const char* first = entry.data() + 9;
    const char* last = entry.data() + entry.size();
    long long value = 0;
    const auto [ptr, ec] = std::from_chars(first, last, value);
    if (ec != std::errc() || ptr != last) return 0;
    return value;
}

// The mount table's escapes (\040 space, \011 tab, \012 line feed, \134
// backslash) undone.
std::string unescapeMountField(std::string_view field) {
    std::string out;
    out.reserve(field.size());
    for (std::size_t i = 0; i < field.size(); ++i) {
        if (field[i] == '\\' && i + 3 < field.size() && field[i + 1] >= '0' && field[i + 1] <= '3' &&
            field[i + 2] >= '0' && field[i + 2] <= '7' && field[i + 3] >= '0' && field[i + 3] <= '7') {
            out += static_cast<char>((field[i + 1] - '0') * 64 + (field[i + 2] - '0') * 8 +
                                     (field[i + 3] - '0'));
            i += 3;
        } else {
            out += field[i];
        }
    }
    return out;
}

} // namespace

HdiutilDiskImage::HdiutilDiskImage()
    : HdiutilDiskImage(Options{}) {}

HdiutilDiskImage::HdiutilDiskImage(Options options)
    : options_(std::move(options)) {}

std::vector<std::string> HdiutilDiskImage::readmeHowToOpen() const {
    return {
        "  双击 data.sparsebundle，输入主密码，即可在 Finder 中看到全部文件。",
        "  Double-click data.sparsebundle and enter your master password.",
        "或在终端 / or in Terminal:",
        "  hdiutil attach data.sparsebundle",
    };
}

bool HdiutilDiskImage::hasDiskutilImage() {
    std::call_once(diskutilProbeOnce_, [this] {
        const ExecResult r = Exec::runSync(options_.diskutil, {"image", "attach", "--help"}, std::nullopt,
                                           options_.diskutilProbeTimeout);
        hasDiskutilImage_ = r.status == 0;
    });
    return hasDiskutilImage_;
}

void HdiutilDiskImage::create(const std::filesystem::path& image, const std::string& password,
                              const std::string& volumeName) {
    if (hasNul(password)) throw VaultError::hdiutil("create", "the password contains a NUL character");
    SecretInput input(password.size() + 1);
    appendPass(input, password);
    const ExecResult r = Exec::runSync(options_.hdiutil,
                                       {"create", "-size", std::string(maxSize), "-type", "SPARSEBUNDLE",
                                        "-fs", "APFS", "-encryption", "AES-256", "-stdinpass", "-imagekey",
                                        "sparse-band-size=" + std::to_string(bandSectors), "-volname",
                                        volumeName, image.string()},
                                       input.get(), options_.createTimeout);
    if (r.status != 0) throw VaultError::hdiutil("create", ToolText::cleanErr(r.stderrText));
}

void HdiutilDiskImage::attach(const std::filesystem::path& image, const std::string& password,
                              const std::filesystem::path& mountPoint, MountMode /*mode: one kind of mount*/) {
    // No image can have such a password (create refuses it); sending it would
    // let its part before the NUL open the image.
    if (hasNul(password)) throw VaultError::wrongPassword();
    ExecResult r;
    {
        SecretInput input(password.size() + 1);
        if (hasDiskutilImage()) {
            input.append(password); // diskutil reads to the end of its input: no NUL
            r = Exec::runSync(options_.diskutil,
                              {"image", "attach", "--stdinpass", "--nobrowse", "--mountOptions", "owners",
                               "--mountPoint", mountPoint.string(), image.string()},
                              input.get(), options_.attachTimeout);
        } else {
            appendPass(input, password);
            r = Exec::runSync(options_.hdiutil,
                              {"attach", "-stdinpass", "-mountpoint", mountPoint.string(), "-nobrowse",
                               "-owners", "on", "-noautoopen", image.string()},
                              input.get(), options_.attachTimeout);
        }
    }
    if (r.status == 0) return;
    const std::string text = r.stderrText + r.stdoutText();
    if (ToolText::isAuthError(text)) throw VaultError::wrongPassword();
    // Leave no half-done attachment behind.
    if (const auto half = attachment(image)) {
        try {
            detach(half->detachTarget, true);
        } catch (const VaultError&) {
            // best effort: the attach failure is what the caller needs to see
        }
    }
    throw VaultError::hdiutil("attach", ToolText::cleanErr(text));
}

void HdiutilDiskImage::detach(const std::string& device, bool force) {
    std::vector<std::string> args{"detach", device};
    if (force) args.emplace_back("-force");
    const ExecResult r = Exec::runSync(options_.hdiutil, args, std::nullopt, options_.detachTimeout);
    if (r.status == 0) return;
    if (r.status == 16) throw VaultError::busy({}); // the tool's status for a busy resource
    throw VaultError::hdiutil("detach", ToolText::cleanErr(r.stderrText));
}

bool HdiutilDiskImage::checkPassword(const std::filesystem::path& image, const std::string& password) {
    if (hasNul(password)) return false;
    ExecResult r;
    {
        SecretInput input(password.size() + 1);
        appendPass(input, password);
        r = Exec::runSync(options_.hdiutil,
                          {"attach", "-nomount", "-stdinpass", "-noautoopen", "-plist", image.string()},
                          input.get(), options_.checkPasswordTimeout);
    }
    if (r.status != 0) {
        if (ToolText::isAuthError(r.stderrText)) return false;
        throw VaultError::hdiutil("verify", ToolText::cleanErr(r.stderrText));
    }
    // "-nomount" attached the image's devices: release them again.
    if (const auto attached = parseEntities(entitiesOfAttachPlist(r.stdoutBytes))) {
        try {
            detach(attached->detachTarget, false);
        } catch (const VaultError&) {
            // the password is right all the same
        }
    }
    return true;
}

void HdiutilDiskImage::changePassword(const std::filesystem::path& image, const std::string& oldPassword,
                                      const std::string& newPassword) {
    if (hasNul(oldPassword)) throw VaultError::wrongPassword();
    if (hasNul(newPassword)) throw VaultError::hdiutil("chpass", "the new password contains a NUL character");
    ExecResult r;
    {
        SecretInput input(oldPassword.size() + newPassword.size() + 2);
        appendPass(input, oldPassword);
        appendPass(input, newPassword);
        r = Exec::runSync(options_.hdiutil, {"chpass", "-oldstdinpass", "-newstdinpass", image.string()},
                          input.get(), options_.changePasswordTimeout);
    }
    if (r.status == 0) return;
    if (ToolText::isAuthError(r.stderrText)) throw VaultError::wrongPassword();
    throw VaultError::hdiutil("chpass", ToolText::cleanErr(r.stderrText));
}

std::optional<DiskImage::Attachment> HdiutilDiskImage::attachment(const std::filesystem::path& image) {
    const ExecResult r =
        Exec::runSync(options_.hdiutil, {"info", "-plist"}, std::nullopt, options_.infoTimeout);
    if (r.status != 0) return std::nullopt;
    return attachmentFromInfoPlist(r.stdoutBytes, image.string());
}

std::vector<std::string> HdiutilDiskImage::busyProcesses(const std::filesystem::path& mountPoint) {
    // The exit status says nothing useful: lsof fails when no file is open.
    const ExecResult r =
        Exec::runSync(options_.lsof, {"-Fc", "+D", mountPoint.string()}, std::nullopt, options_.lsofTimeout);
    return parseLsofCommands(r.stdoutText());
}

bool HdiutilDiskImage::isMountPoint(const std::filesystem::path& path) {
    // The mount record of the path: the mount its file system belongs to
    // (symbolic links followed), looked up by mount id in the mount table.
    struct statx info {};
    if (::statx(AT_FDCWD, path.c_str(), AT_STATX_DONT_SYNC, STATX_MNT_ID, &info) != 0) return false;
    if ((info.stx_mask & STATX_MNT_ID) == 0) return false;
    std::ifstream file("/proc/self/mountinfo");
    const std::string table((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
    const auto mountedOn = mountPointInTable(table, info.stx_mnt_id);
    if (!mountedOn) return false;
    return canonicalPath(*mountedOn) == canonicalPath(path.string());
}

std::optional<DiskImage::Attachment> HdiutilDiskImage::parseEntities(const std::vector<Entity>& entities) {
    std::vector<std::string> devEntries;
    for (const auto& e : entities)
        if (e.devEntry) devEntries.push_back(*e.devEntry);

    std::optional<std::string> detachTarget;
    for (const auto& e : entities) {
        if (e.contentHint == "GUID_partition_scheme") {
            detachTarget = e.devEntry; // the first hinted entity decides, when its entry is text
            break;
        }
    }
    if (!detachTarget) {
        std::optional<long long> best;
        for (const auto& entry : devEntries) {
            if (!isWholeDisk(entry)) continue;
            const long long number = diskNumber(entry);
            if (!best || number < *best) { // on equal numbers the earlier entry stays
                best = number;
                detachTarget = entry;
            }
        }
    }
    if (!detachTarget) return std::nullopt;

    Attachment out{*detachTarget, {}};
    for (const auto& e : entities)
        if (e.mountPoint) out.mountPoints.push_back(*e.mountPoint);
    return out;
}

std::vector<HdiutilDiskImage::Entity> HdiutilDiskImage::entitiesOfAttachPlist(const Bytes& plist) {
    const PlistPtr root = parsePlist(plist);
    if (!root || plist_get_node_type(root.get()) != PLIST_DICT) return {};
    return entitiesOf(plist_dict_get_item(root.get(), "system-entities"));
}

std::optional<DiskImage::Attachment> HdiutilDiskImage::attachmentFromInfoPlist(const Bytes& plist,
                                                                               const std::string& imagePath) {
    const PlistPtr root = parsePlist(plist);
    if (!root || plist_get_node_type(root.get()) != PLIST_DICT) return std::nullopt;
    const auto images = dictionaries(plist_dict_get_item(root.get(), "images"));
    if (!images) return std::nullopt;
    const std::string target = canonicalPath(imagePath);
    for (plist_t image : *images) {
        const auto path = stringForKey(image, "image-path");
        if (path && canonicalPath(*path) == target)
            return parseEntities(entitiesOf(plist_dict_get_item(image, "system-entities")));
    }
    return std::nullopt;
}

std::optional<std::string> HdiutilDiskImage::mountPointInTable(std::string_view mountinfo,
                                                               std::uint64_t mountId) {
    std::size_t pos = 0;
    while (pos < mountinfo.size()) {
        std::size_t end = mountinfo.find('\n', pos);
        if (end == std::string_view::npos) end = mountinfo.size();
        // id parent major:minor root mount-point options ...
        std::istringstream fields{std::string(mountinfo.substr(pos, end - pos))};
        pos = end + 1;
        std::uint64_t id = 0;
        std::string parent, device, root, mountPoint;
        if (!(fields >> id >> parent >> device >> root >> mountPoint)) continue;
        if (id == mountId) return unescapeMountField(mountPoint);
    }
    return std::nullopt;
}

std::vector<std::string> HdiutilDiskImage::parseLsofCommands(std::string_view output) {
    std::vector<std::string> names;
    std::size_t pos = 0;
    while (pos < output.size()) {
        std::size_t end = output.find('\n', pos);
        if (end == std::string_view::npos) end = output.size();
        const std::string_view line = output.substr(pos, end - pos);
        pos = end + 1;
        if (line.empty() || line.front() != 'c') continue;
        std::string name(line.substr(1));
        bool seen = false;
        for (const auto& n : names)
            seen = seen || n == name;
        if (!seen) names.push_back(std::move(name));
    }
    return names;
}

std::string HdiutilDiskImage::canonicalPath(const std::string& path) {
    if (!path.empty() && path.find('\0') == std::string::npos) {
        if (char* resolved = ::realpath(path.c_str(), nullptr)) {
            std::string out(resolved);
            std::free(resolved);
            return out;
        }
    }
    return standardisedPath(path);
}

std::string HdiutilDiskImage::standardisedPath(const std::string& path) {
    std::string absolute = path;
    if (absolute.empty() || absolute.front() != '/') {
        std::error_code ec;
        const auto cwd = std::filesystem::current_path(ec);
        absolute = (ec ? std::string("/") : cwd.string()) + "/" + path;
    }
    std::vector<std::string_view> parts;
    const std::string_view view(absolute);
    std::size_t pos = 0;
    while (pos <= view.size()) {
        std::size_t end = view.find('/', pos);
        if (end == std::string_view::npos) end = view.size();
        const std::string_view part = view.substr(pos, end - pos);
        pos = end + 1;
        if (part.empty() || part == ".") continue;
        if (part == "..") {
            if (!parts.empty()) parts.pop_back();
            continue;
        }
        parts.push_back(part);
    }
    if (parts.empty()) return "/";
    std::string out;
    for (const auto& part : parts) {
        out += '/';
        out.append(part);
    }
    return out;
}

} // namespace vaultkit
