#include "serial/portmap.h"

#include <algorithm>
#include <cctype>
#include <climits>
#include <cstdlib>
#include <dirent.h>
#include <filesystem>
#include <fstream>
#include <pwd.h>
#include <set>
#include <sys/stat.h>
#include <unistd.h>

namespace qtx {

namespace fs = std::filesystem;

namespace {

constexpr const char* kEnvPorts = "QTXFLASH_PORTS";
constexpr const char* kSysClassTty = "/sys/class/tty";

std::vector<std::string> ListDir(const std::string& dir) {
    std::vector<std::string> names;
    DIR* d = ::opendir(dir.c_str());
    if (!d) return names;
    while (const dirent* e = ::readdir(d)) {
        const std::string n = e->d_name;
        if (n != "." && n != "..") names.push_back(n);
    }
    ::closedir(d);
    std::sort(names.begin(), names.end());
    return names;
}

// First line of a small sysfs attribute, without trailing white space.
std::string ReadAttribute(const std::string& path) {
    std::ifstream in(path);
    std::string line;
    if (!in || !std::getline(in, line)) return {};
    while (!line.empty() && std::isspace(static_cast<unsigned char>(line.back()))) line.pop_back();
    return line;
}

bool Exists(const std::string& path) {
    struct stat st {};
    return ::stat(path.c_str(), &st) == 0;
}

// The path with every link resolved, or the path itself when it cannot be.
std::string Canonical(const std::string& path) {
    char buf[PATH_MAX];
    return ::realpath(path.c_str(), buf) ? std::string(buf) : path;
}

// Splits "ttyUSB12" into "ttyUSB" and 12; number -1 when there is none.
std::pair<std::string, long> SplitName(const std::string& name) {
    std::size_t i = name.size();
    while (i > 0 && std::isdigit(static_cast<unsigned char>(name[i - 1]))) --i;
    if (i == name.size() || name.size() - i > 9) return {name, -1};
    return {name.substr(0, i), std::stol(name.substr(i))};
}

// Description of a tty that sysfs knows: USB manufacturer and product for a
// USB adapter, else the name of the driver behind it.
std::string Describe(const std::string& sysClassTty, const std::string& tty) {
    if (sysClassTty.empty() || tty.empty()) return {};
    const std::string deviceLink = sysClassTty + "/" + tty + "/device";
    char buf[PATH_MAX];
    if (!::realpath(deviceLink.c_str(), buf)) return {};
    // The USB device sits a few levels above the tty's own device (port,
    // interface, device); it is the one with a vendor id.
    fs::path p = buf;
    for (int level = 0; level < 4 && !p.empty() && p != p.root_path(); ++level, p = p.parent_path()) {
        if (!Exists((p / "idVendor").string())) continue;
        const std::string product = ReadAttribute((p / "product").string());
        const std::string maker = ReadAttribute((p / "manufacturer").string());
        if (product.empty()) return maker;
        return maker.empty() ? product : maker + " " + product;
    }
    // Else the driver; the serial core's own "port" and "ctrl" drivers (bus
    // serial-base) sit below the one that names the hardware.
    p = buf;
    for (int level = 0; level < 4 && !p.empty() && p != p.root_path(); ++level, p = p.parent_path()) {
        char target[PATH_MAX];
        const ssize_t n = ::readlink((p / "driver").c_str(), target, sizeof target - 1);
        if (n <= 0) continue;
        target[n] = '\0';
        const fs::path driver = target;
        if (driver.parent_path().parent_path().filename() != "serial-base") return driver.filename().string();
    }
    return {};
}

std::string DescribeDevice(const std::string& sysClassTty, const std::string& device) {
    const std::string real = Canonical(device);
    if (real.rfind("/dev/pts/", 0) == 0) return "pseudo-terminal";
    const std::string base = fs::path(real).filename().string();
    if (!sysClassTty.empty() && !base.empty() && Exists(sysClassTty + "/" + base)) return Describe(sysClassTty, base);
    return {};
}

// Serial devices present, in the order they are numbered: ttyS* with a UART
// behind them, then ttyUSB*, then ttyACM*, then other ttys that a driver backs.
std::vector<std::string> DetectDevices(const std::string& sysClassTty) {
    struct Found {
        int group;
        std::string prefix;
        long number;
        std::string name;
    };
    std::vector<Found> found;
    for (const std::string& name : ListDir(sysClassTty)) {
        const auto [prefix, number] = SplitName(name);
        const std::string base = sysClassTty + "/" + name;
        int group;
        if (prefix == "ttyS" && number >= 0) {
            // Type 0 (PORT_UNKNOWN): the legacy ports that exist whether or not a UART does.
            const std::string type = ReadAttribute(base + "/type");
            if (type.empty() || std::atoi(type.c_str()) == 0) continue;
            group = 0;
        } else if (prefix == "ttyUSB" && number >= 0) {
            group = 1;
        } else if (prefix == "ttyACM" && number >= 0) {
            group = 2;
        } else if (prefix != "tty" && Exists(base + "/device")) {
            // Virtual consoles, ptmx and the console have no device behind them.
            group = 3;
        } else {
            continue;
        }
        found.push_back({group, prefix, number, name});
    }
    std::sort(found.begin(), found.end(), [](const Found& a, const Found& b) {
        if (a.group != b.group) return a.group < b.group;
        if (a.prefix != b.prefix) return a.prefix < b.prefix;
        return a.number < b.number;
    });
    std::vector<std::string> names;
    for (const auto& f : found) names.push_back(f.name);
    return names;
}

}  // namespace

std::string PortMapDir() {
    // Set but empty stays empty: PortMap() refuses it rather than fall back to detection.
    if (const char* env = std::getenv(kEnvPorts)) return env;
    std::string home;
    if (const char* h = std::getenv("HOME"); h && *h) {
        home = h;
    } else if (const passwd* pw = ::getpwuid(::getuid()); pw && pw->pw_dir) {
        home = pw->pw_dir;
    }
    return home + "/.config/qtxflash/ports";
}

bool PortMapIsPrivate() { return std::getenv(kEnvPorts) != nullptr; }

std::string PortMapProblem() {
    const char* env = std::getenv(kEnvPorts);
    if (env && !*env) return std::string(kEnvPorts) + " is set but empty: name a directory of COMn links, or unset it";
    return {};
}

int ComNumber(const std::string& name) {
    if (name.size() < 4 || name.size() > 12) return -1;
    for (int i = 0; i < 3; ++i)
        if (std::toupper(static_cast<unsigned char>(name[i])) != "COM"[i]) return -1;
    // No sign, no leading zero: "COM03" is not another spelling of COM3.
    if (name[3] == '0') return -1;
    long n = 0;
    for (std::size_t i = 3; i < name.size(); ++i) {
        if (!std::isdigit(static_cast<unsigned char>(name[i]))) return -1;
        n = n * 10 + (name[i] - '0');
        if (n > 999999) return -1;
    }
    return static_cast<int>(n);
}

std::vector<PortEntry> BuildPortMap(const std::string& dir, bool detect, const std::string& sysClassTty) {
    std::vector<PortEntry> map;
    std::set<int> taken;
    std::set<std::string> mappedDevices;

    std::error_code ec;
    const fs::path absDir = dir.empty() ? fs::path() : fs::absolute(dir, ec);
    if (!absDir.empty()) {
        struct Candidate {
            int number;
            std::string name;
        };
        std::vector<Candidate> candidates;
        for (const std::string& name : ListDir(absDir.string())) {
            const int n = ComNumber(name);
            if (n > 0) candidates.push_back({n, name});
        }
        // Sorted by number, then by spelling, so "COM2" wins over "com2".
        std::stable_sort(candidates.begin(), candidates.end(),
                         [](const Candidate& a, const Candidate& b) { return a.number < b.number; });
        for (const auto& c : candidates) {
            if (taken.count(c.number)) continue;
            const fs::path entry = absDir / c.name;
            struct stat st {};
            if (::lstat(entry.c_str(), &st) != 0) continue;
            std::string device;
            if (S_ISLNK(st.st_mode)) {
                char target[PATH_MAX];
                const ssize_t len = ::readlink(entry.c_str(), target, sizeof target - 1);
                if (len <= 0) continue;
                target[len] = '\0';
                const fs::path t = target;
                device = (t.is_absolute() ? t : absDir / t).lexically_normal().string();
            } else if (S_ISCHR(st.st_mode)) {
                device = entry.string();
            } else {
                continue;  // plain files and folders are not ports
            }
            taken.insert(c.number);
            mappedDevices.insert(Canonical(device));
            map.push_back({"COM" + std::to_string(c.number), device, DescribeDevice(sysClassTty, device), true});
        }
    }

    if (detect && !sysClassTty.empty()) {
        int next = 1;
        for (const std::string& tty : DetectDevices(sysClassTty)) {
            const std::string device = "/dev/" + tty;
            if (mappedDevices.count(Canonical(device))) continue;  // already named in the directory
            while (taken.count(next)) ++next;
            taken.insert(next);
            map.push_back({"COM" + std::to_string(next), device, Describe(sysClassTty, tty), false});
        }
    }

    std::sort(map.begin(), map.end(),
              [](const PortEntry& a, const PortEntry& b) { return ComNumber(a.name) < ComNumber(b.name); });
    return map;
}

std::vector<PortEntry> PortMap() {
    if (!PortMapProblem().empty()) return {};
    return BuildPortMap(PortMapDir(), !PortMapIsPrivate(), kSysClassTty);
}

std::string ResolvePort(const std::string& name) {
    const int n = ComNumber(name);
    if (n < 0) return {};
    for (const PortEntry& e : PortMap())
        if (ComNumber(e.name) == n) return e.device;
    return {};
}

}  // namespace qtx
