#include "sim/options.h"

#include "sim/boards.h"
#include "sim/port_link.h"

namespace qtx::sim {

std::string UsageText() {
    std::string s =
        "Usage: qtxsim --board NAME --port COMn [options]\n"
        "Simulates a target board on a pseudo-terminal linked into the port map as COMn.\n"
        "\n"
        "  --board NAME       board to simulate (see below)\n"
        "  --port COMn        port name the board appears under\n"
        "  --ports-dir DIR    port map directory (default: $QTXFLASH_PORTS, else\n"
        "                     ~/.config/qtxflash/ports)\n"
        "  --flash-out FILE   write the whole flash (erased bytes 0xFF) when the board ends\n"
        "  --once             end after the host has opened the port, sent data and closed it\n"
        "  --pace             receive at the line's baud rate instead of at once\n"
        "  --latency-ms N     delay every answer by N ms (USB adapter turnaround)\n"
        "  --queue BYTES      with --pace: the adapter holds BYTES more than the\n"
        "                     pseudo-terminal's own 14 to 20 KiB before the line\n"
        "  --erase-ms N       time the loaded program takes to erase the flash (default 200)\n" +
        AppUsageText() +
        "  --fault FAULT      inject a fault; repeatable or comma-separated. N counts the\n"
        "                     bytes received from the host since the start, from 0:\n"
        "                       silent            never answer anything\n"
        "                       bad-id            identification byte XOR 0x80\n"
        "                       no-echo           C509: the size is not echoed (0x03 comes late)\n"
        "                       bad-echo          C509: the low size byte is echoed XOR 0x01\n"
        "                       verify-error@ADDR report a verify error at flash address ADDR\n"
        "                       erase-fail        the flash's erase fails (GP4020; t89c5xacx:\n"
        "                                         confirmed, but no cell is erased)\n"
        "                       preloaded         t89c5xacx: the flash holds an earlier image\n"
        "                       read-locked       t89c5xacx: Read Flash answers \"L\" (security)\n"
        "                       wide-erase        xc164, xe167: erasing a 4 KiB sector clears the\n"
        "                                         16 KiB around it (a larger real sector)\n"
        "                       no-fast           stm32f4, sam3u, sam3s, gp4020, c167, c163: the\n"
        "                                         core clock runs 3 % fast: the loader refuses\n"
        "                                         the fast rate, or its sync fails\n"
        "                       fast-garble[@K]   up to 4 bytes sent at the rate the host\n"
        "                                         switches to the K-th time (1st by default;\n"
        "                                         xe167 and xc164 switch once in plain runs)\n"
        "                                         arrive damaged (XOR 0x10)\n"
        "                       drop@N            byte N never arrives\n"
        "                       corrupt@N         byte N arrives XOR 0x01\n"
        "                       bad-ack@N         first answer after N bytes is XOR 0x01\n"
        "                       unplug@N          after N bytes the adapter is pulled\n"
        "  --help             show this text\n"
        "  --version          show the version and the git revision\n"
        "\n"
        "Boards:\n";
    for (const auto& k : KnownBoards())
        s += "  " + k.name + std::string(k.name.size() < 10 ? 10 - k.name.size() : 1, ' ') + k.description + "\n";
    s += "\nWithout --once the board serves run after run: every close of the port resets it\n"
         "into its boot loader (the flash keeps its content).\n"
         "The board prints one line \"qtxsim: board NAME on COMn -> /dev/pts/N\" when it is ready.\n"
         "Exit status: 0 normally, 2 usage error, 1 other errors.\n";
    return s;
}

std::string ParseArgs(const std::vector<std::string>& args, ProgramOptions& o) {
    bool haveBoard = false, havePort = false;
    for (std::size_t i = 0; i < args.size(); ++i) {
        std::string opt = args[i];
        std::string value;
        bool inlineValue = false;
        if (const auto eq = opt.find('='); opt.rfind("--", 0) == 0 && eq != std::string::npos) {
            value = opt.substr(eq + 1);
            opt = opt.substr(0, eq);
            inlineValue = true;
        }
        if (IsAppFlag(opt)) {
            if (inlineValue) return "option " + opt + " takes no value";
            std::string err;
            ParseAppOption(opt, value, o.app, err);
            continue;
        }
        const bool flag = opt == "--once" || opt == "--pace" || opt == "--help" || opt == "-h" || opt == "--version";
        if (flag) {
            if (inlineValue) return "option " + opt + " takes no value";
            if (opt == "--once") o.once = true;
            else if (opt == "--pace") o.pace = true;
            else if (opt == "--version") o.version = true;
            else o.help = true;
            continue;
        }
        const bool known = opt == "--board" || opt == "--port" || opt == "--ports-dir" ||
                           opt == "--flash-out" || opt == "--latency-ms" || opt == "--erase-ms" || opt == "--queue" ||
                           opt == "--fault" || opt == "--app-baud" || opt == "--app-answer";
        if (!known) return "unknown option '" + args[i] + "'";
        if (!inlineValue) {
            if (i + 1 >= args.size()) return "option " + opt + " needs a value";
            value = args[++i];
        }
        if (opt == "--board") {
            if (!FindBoard(value)) return "unknown board '" + value + "'; known boards: " + KnownBoardNames();
            o.board = value;
            haveBoard = true;
        } else if (opt == "--port") {
            o.port = NormalizePortName(value);
            if (o.port.empty()) return "port name '" + value + "' is not of the form COMn";
            havePort = true;
        } else if (opt == "--ports-dir" || opt == "--flash-out") {
            if (value.empty()) return "option " + opt + " needs a value";
            (opt == "--ports-dir" ? o.portsDir : o.flashOut) = value;
        } else if (opt == "--queue") {
            uint64_t n = 0;
            if (!ParseNumber(value, 16 * 1024 * 1024, n)) return "option --queue needs a number of bytes, not '" + value + "'";
            o.queueBytes = std::size_t(n);
        } else if (opt == "--latency-ms" || opt == "--erase-ms") {
            uint64_t n = 0;
            if (!ParseNumber(value, 3600000, n)) return "option " + opt + " needs a number of milliseconds, not '" + value + "'";
            (opt == "--latency-ms" ? o.latencyMs : o.eraseMs) = int(n);
        } else if (std::string err; ParseAppOption(opt, value, o.app, err)) {
            if (!err.empty()) return err;
        } else {
            if (auto err = AddFaults(value, o.faults); !err.empty()) return err;
        }
    }
    if (o.help || o.version) return {};
    if (!haveBoard) return "--board is required; known boards: " + KnownBoardNames();
    if (!havePort) return "--port is required";
    if (auto err = CheckAppOptions(o.app, o.board); !err.empty()) return err;
    return {};
}

}  // namespace qtx::sim
