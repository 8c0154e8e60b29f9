#include "sim/port_link.h"

#include <cctype>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <pwd.h>
#include <stdexcept>
#include <sys/stat.h>
#include <unistd.h>

namespace qtx::sim {

namespace {

std::string ReadLink(const std::string& path) {
    char buf[4096];
    const ssize_t n = ::readlink(path.c_str(), buf, sizeof buf - 1);
    if (n < 0) return {};
    return std::string(buf, std::size_t(n));
}

void MakeDirs(const std::string& dir) {
    std::string partial;
    std::size_t pos = 0;
    while (pos != std::string::npos) {
        pos = dir.find('/', pos + 1);
        partial = dir.substr(0, pos);
        if (partial.empty()) continue;
        if (::mkdir(partial.c_str(), 0755) != 0 && errno != EEXIST)
            throw std::runtime_error("cannot create port directory " + partial + ": " + std::strerror(errno));
    }
    struct stat st {};
    if (::stat(dir.c_str(), &st) != 0 || !S_ISDIR(st.st_mode))
        throw std::runtime_error("port directory " + dir + " is not a directory");
}

}  // namespace

std::string DefaultPortsDir() {
    if (const char* env = std::getenv("QTXFLASH_PORTS"); env && *env) return env;
    std::string home;
    if (const char* h = std::getenv("HOME"); h && *h)
        home = h;
    else if (const passwd* pw = ::getpwuid(::getuid()))
        home = pw->pw_dir;
    else
        home = "/tmp";
    return home + "/.config/qtxflash/ports";
}

std::string NormalizePortName(const std::string& name) {
    if (name.size() < 4 || name.size() > 6) return {};
    for (int i = 0; i < 3; ++i)
        if (std::toupper(static_cast<unsigned char>(name[i])) != "COM"[i]) return {};
    if (name[3] == '0') return {};
    for (std::size_t i = 3; i < name.size(); ++i)
        if (!std::isdigit(static_cast<unsigned char>(name[i]))) return {};
    return "COM" + name.substr(3);
}

PortLink::PortLink(const std::string& dir, const std::string& name, const std::string& device)
    : path_(dir + "/" + name), device_(device) {
    MakeDirs(dir);
    if (::symlink(device.c_str(), path_.c_str()) == 0) {
        linked_ = true;
        return;
    }
    if (errno != EEXIST) throw std::runtime_error("cannot create " + path_ + ": " + std::strerror(errno));

    struct stat st {};
    if (::lstat(path_.c_str(), &st) != 0 || !S_ISLNK(st.st_mode))
        throw std::runtime_error(path_ + " exists and is not a port link; remove it or choose another --port");
    const std::string target = ReadLink(path_);
    struct stat dev {};
    const bool dangling = ::stat(path_.c_str(), &dev) != 0 && errno == ENOENT;
    if (!dangling && target != device)
        throw std::runtime_error(name + " in " + dir + " already links to " + target +
                                 ", which exists (another board or a real port); choose another --port");
    // A stale link: replace it in one step.
    const std::string tmp = path_ + ".qtxsim" + std::to_string(::getpid());
    ::unlink(tmp.c_str());
    if (::symlink(device.c_str(), tmp.c_str()) != 0 || ::rename(tmp.c_str(), path_.c_str()) != 0) {
        const int err = errno;
        ::unlink(tmp.c_str());
        throw std::runtime_error("cannot replace stale link " + path_ + ": " + std::strerror(err));
    }
    linked_ = true;
}

void PortLink::Remove() {
    if (!linked_) return;
    linked_ = false;
    if (ReadLink(path_) == device_) ::unlink(path_.c_str());
}

}  // namespace qtx::sim
