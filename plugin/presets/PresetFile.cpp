// The user preset file on disk: where it lives, reading it, and replacing it atomically.

#include "PresetLibrary.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdlib>
#include <string_view>

namespace pelmor {

namespace {

constexpr char kPresetSubdirectory[] = "/Orvotone/Pelmor";
constexpr char kPresetFileName[] = "/presets.txt";
// Temporary files are named "<file>.tmp-<pid>-<counter>" beside the file they replace.
constexpr char kTempInfix[] = ".tmp-";
constexpr int kTempNameAttempts = 16;

std::atomic<unsigned> gTempCounter{0};

// Closes a descriptor when it goes out of scope.
class Fd {
public:
    explicit Fd(int fd = -1) noexcept : fd_(fd) {}
    ~Fd() { reset(); }
    Fd(const Fd&) = delete;
    Fd& operator=(const Fd&) = delete;
    int get() const noexcept { return fd_; }
    int release() noexcept {
        const int fd = fd_;
        fd_ = -1;
        return fd;
    }
    void reset(int fd = -1) noexcept {
        if (fd_ >= 0) ::close(fd_);
        fd_ = fd;
    }

private:
    int fd_;
};

int flockRetrying(int fd, int operation) noexcept {
    int rc;
    do {
        rc = ::flock(fd, operation);
    } while (rc != 0 && errno == EINTR);
    return rc;
}

bool writeAll(int fd, const std::string& text) noexcept {
    const char* p = text.data();
    std::size_t left = text.size();
    while (left > 0) {
        const ssize_t n = ::write(fd, p, left);
        if (n < 0) {
            if (errno == EINTR) continue;
            return false;
        }
        if (n == 0) return false;
        p += n;
        left -= static_cast<std::size_t>(n);
    }
    return true;
}

// Splits "dir/name" into its directory ("." when there is none) and its last component.
void splitPath(const std::string& path, std::string& dir, std::string& base) {
    const std::size_t slash = path.rfind('/');
    if (slash == std::string::npos) {
        dir.assign(1, '.');
        base.assign(path);
    } else {
        dir.assign(path, 0, slash == 0 ? 1 : slash);  // "/name" lies in "/"
        base.assign(path, slash + 1);
    }
}

std::string joinPath(const std::string& dir, const std::string& name) {
    return dir == "/" ? "/" + name : dir + "/" + name;
}

bool sameFile(const struct stat& a, const struct stat& b) noexcept { return a.st_dev == b.st_dev && a.st_ino == b.st_ino; }

// "<digits>-<digits>": the tail of a temporary file's name after "<file>.tmp-".
bool isTemporaryTail(std::string_view tail) noexcept {
    const std::size_t dash = tail.find('-');
    if (dash == 0 || dash == std::string_view::npos || dash + 1 == tail.size()) return false;
    for (std::size_t i = 0; i < tail.size(); ++i) {
        if (i != dash && (tail[i] < '0' || tail[i] > '9')) return false;
    }
    return true;
}

// Removes the temporary files of writers that died before renaming them. A live writer
// holds an exclusive lock on its temporary file until it is renamed, so a file whose lock
// can be taken is stale; on a file system without locks nothing is removed.
void removeStaleTemporaries(const std::string& dir, const std::string& base) {
    DIR* d = ::opendir(dir.c_str());
    if (d == nullptr) return;
    const std::string prefix = base + kTempInfix;
    while (const dirent* entry = ::readdir(d)) {
        const std::string_view name(entry->d_name);
        if (name.size() <= prefix.size() || name.compare(0, prefix.size(), prefix) != 0) continue;
        if (!isTemporaryTail(name.substr(prefix.size()))) continue;  // somebody else's file
        const std::string path = joinPath(dir, std::string(name));
        Fd fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY));
        if (fd.get() < 0) continue;
        struct stat held {};
        struct stat named {};
        if (::fstat(fd.get(), &held) != 0 || !S_ISREG(held.st_mode)) continue;
        if (flockRetrying(fd.get(), LOCK_EX | LOCK_NB) != 0) continue;
        if (::lstat(path.c_str(), &named) == 0 && sameFile(held, named)) ::unlink(path.c_str());
    }
    ::closedir(d);
}

// Creates a new temporary file in `dir` and takes its lock. Returns the descriptor (or -1)
// and sets the file's path.
int createTemporary(const std::string& dir, const std::string& base, std::string& tempPath) {
    for (int attempt = 0; attempt < kTempNameAttempts; ++attempt) {
        tempPath = joinPath(dir, base + kTempInfix + std::to_string(::getpid()) + "-" +
                                     std::to_string(gTempCounter.fetch_add(1, std::memory_order_relaxed)));
        Fd fd(::open(tempPath.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC | O_NOCTTY, 0666));
        if (fd.get() < 0) {
            if (errno == EEXIST) continue;
            return -1;
        }
        // Without lock support no cleaner can take the lock either, so nobody removes it.
        if (flockRetrying(fd.get(), LOCK_EX) != 0) return fd.release();
        // A cleaner may have taken the lock between the creation and ours and removed the
        // name; then start over under a new one.
        struct stat held {};
        struct stat named {};
        if (::fstat(fd.get(), &held) == 0 && ::lstat(tempPath.c_str(), &named) == 0 && sameFile(held, named)) {
            return fd.release();
        }
    }
    return -1;
}

}  // namespace

std::string userPresetDirectory(const char* xdgConfigHome, const char* home) {
    std::string dir;
    if (xdgConfigHome != nullptr && *xdgConfigHome != '\0') {
        dir = xdgConfigHome;
    } else if (home != nullptr) {
        dir = std::string(home) + "/.config";
    } else {
        dir = ".";
    }
    return dir + kPresetSubdirectory;
}

std::string userPresetPath(const char* xdgConfigHome, const char* home) {
    return userPresetDirectory(xdgConfigHome, home) + kPresetFileName;
}

std::string userPresetPathFromEnvironment() {
    return userPresetPath(std::getenv("XDG_CONFIG_HOME"), std::getenv("HOME"));
}

void createPresetDirectories(const std::string& dir) {
    for (std::size_t i = 0; i < dir.size(); ++i) {
        if (dir[i] == '/' || dir[i] == '\\') ::mkdir(dir.substr(0, i + 1).c_str(), 0755);
    }
    if (!dir.empty()) ::mkdir(dir.c_str(), 0755);
}

bool PresetLibrary::loadUserPresets(const std::string& path) {
    initFactory();
    fileUnreadable = false;
    Fd fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY));
    if (fd.get() < 0) {
        // No file (or no directory on the way): nothing to lose. Anything else means a file
        // we cannot see into.
        fileUnreadable = errno != ENOENT && errno != ENOTDIR;
        return false;
    }
    std::string text;
    char chunk[1024];
    for (;;) {
        const ssize_t n = ::read(fd.get(), chunk, sizeof chunk);
        if (n < 0) {
            if (errno == EINTR) continue;
            fileUnreadable = true;  // a directory, an I/O error: factory presets only
            return false;
        }
        if (n == 0) break;
        text.append(chunk, static_cast<std::size_t>(n));
    }
    deserializeUser(text);
    return true;
}

bool PresetLibrary::saveUserPresets(const std::string& path) const {
    std::string dir;
    std::string base;
    splitPath(path, dir, base);
    createPresetDirectories(dir);
    if (base.empty()) return false;

    // Write through a symbolic link (a file kept elsewhere, say in a dotfiles folder)
    // instead of replacing the link by a plain file.
    std::string target = path;
    struct stat old {};
    if (::lstat(path.c_str(), &old) == 0 && S_ISLNK(old.st_mode)) {
        if (char* resolved = ::realpath(path.c_str(), nullptr)) {
            target = resolved;
            std::free(resolved);
            splitPath(target, dir, base);
        }
    }
    const bool hadFile = ::stat(target.c_str(), &old) == 0;

    removeStaleTemporaries(dir, base);

    std::string tempPath;
    Fd fd(createTemporary(dir, base, tempPath));
    if (fd.get() < 0) return false;
    if (hadFile && S_ISREG(old.st_mode)) (void)::fchmod(fd.get(), old.st_mode & 07777);

    const std::string text = serializeUser();
    bool ok = writeAll(fd.get(), text) && ::fsync(fd.get()) == 0;
    // The lock is held until the new file has its final name.
    ok = ok && ::rename(tempPath.c_str(), target.c_str()) == 0;
    if (!ok) {
        ::unlink(tempPath.c_str());
        return false;
    }
    fd.reset();

    Fd dirFd(::open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (dirFd.get() >= 0) (void)::fsync(dirFd.get());
    return true;
}

}  // namespace pelmor
