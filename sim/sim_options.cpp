// Command-line parsing of the panel simulator program.
#include "sim/sim_options.h"

#include <cerrno>
#include <cstdlib>

#include "sim/panel_memory.h"

namespace tarvex::sim {

namespace {

bool ParseNumber(const std::string& text, unsigned long long max, unsigned long long* value) {
  if (text.empty() || text.size() > 20) return false;
  for (char c : text)
    if (c < '0' || c > '9') return false;
  errno = 0;
  const unsigned long long v = std::strtoull(text.c_str(), nullptr, 10);
  if (errno != 0 || v > max) return false;
  *value = v;
  return true;
}

}  // namespace

bool ParseFaultKind(const std::string& name, FaultKind* kind) {
  static const struct {
    const char* name;
    FaultKind kind;
  } kNames[] = {
      {"no-echo", FaultKind::NoEcho},       {"echo-case", FaultKind::EchoCase},
      {"bad-check", FaultKind::BadCheck},   {"missing-check-byte", FaultKind::MissingCheckByte},
      {"noise", FaultKind::NoiseBeforeEcho}, {"stall", FaultKind::Stall},
      {"close-line", FaultKind::CloseLine}, {"corrupt-data", FaultKind::CorruptData},
  };
  for (const auto& n : kNames) {
    if (name == n.name) {
      *kind = n.kind;
      return true;
    }
  }
  return false;
}

std::string SimUsage() {
  return "usage: tarvex-panel-sim [--model NAME] [--firmware TEXT] [--real-version TEXT] [--k1] "
         "[--baud N] [--code DIGITS] [--wire-time] [--adapter-latency MS] [--adapter-low-latency] "
         "[--fault no-echo|echo-case|bad-check|missing-check-byte|noise|stall|close-line|corrupt-data] "
         "[--fault-at N | --fault-at-write N] [--seed N] [--link PATH]";
}

std::string SimHelp() {
  return SimUsage() +
         "\n\n"
         "Serves one simulated panel on a pseudo-terminal and prints its device path.\n"
         "\n"
         "  --model NAME        VYR4 VYR8 VYR8G VYR32 VYR32G VYR8W VYR8WG VYR16D, or VYR320 (default VYR8)\n"
         "  --firmware TEXT     the version the panel reports (default 2.10, the VYR 320 2.05)\n"
         "  --real-version TEXT VYR 320 only: the version behind the placeholder 2.xx\n"
         "  --k1                VYR 320 only: marks the panel K1\n"
         "  --baud N            the panel's own line speed (default 9600, the VYR 320 38400)\n"
         "  --code DIGITS       the main user's code, 0 to 6 digits (default 1234)\n"
         "  --wire-time         every byte takes 11 bit times on the line, both ways\n"
         "  --adapter-latency MS  a USB adapter between the line and the computer: the panel's\n"
         "                      bytes come in packets of 62, or MS (1 to 255) after the last\n"
         "                      byte received (16 for a common FTDI adapter; default: no adapter)\n"
         "  --adapter-low-latency  the adapter's driver honoured the computer's request for low\n"
         "                      latency: its timer runs 1 ms (implies an adapter of 16 ms)\n"
         "  --fault NAME        a fault to play, at every exchange or at --fault-at N only:\n"
         "      no-echo             the header is ignored: no answer, nothing stored\n"
         "      echo-case           the echo's letters come back in the other case\n"
         "      bad-check           read: wrong sum or CRC; write: the check arrives altered,\n"
         "                          the block is discarded after its echo\n"
         "      missing-check-byte  read: the last check byte is not sent\n"
         "      noise               a few random bytes before the echo\n"
         "      stall               half a read's answer, or three bytes of a write's echo\n"
         "      close-line          as stall, then the panel closes the line for good\n"
         "      corrupt-data        one data byte altered on the line: a write is discarded\n"
         "                          after its echo, a read fails the tool's check\n"
         "  --fault-at N        the exchange (header taken off the line, from 1) the fault hits\n"
         "  --fault-at-write N  the write (write header taken off the line, from 1) it hits\n"
         "  --seed N            seed of the generated users, codes, keys and noise\n"
         "  --link PATH         also make PATH a symbolic link to the device";
}

bool ParseSimOptions(const std::vector<std::string>& args, SimOptions* out, std::string* error) {
  SimOptions o;
  auto fail = [&](const std::string& why) {
    if (error) *error = why;
    return false;
  };
  for (size_t i = 0; i < args.size(); ++i) {
    std::string name = args[i];
    std::string value;
    bool hasValue = false;
    const size_t eq = name.find('=');
    if (name.rfind("--", 0) == 0 && eq != std::string::npos) {
      value = name.substr(eq + 1);
      name = name.substr(0, eq);
      hasValue = true;
    }
    auto takeValue = [&]() -> bool {
      if (hasValue) return true;
      if (i + 1 >= args.size()) return false;
      value = args[++i];
      return true;
    };
    auto flag = [&]() -> bool { return !hasValue; };

    unsigned long long number = 0;
    if (name == "-h" || name == "--help") {
      if (!flag()) return fail(name + " takes no value");
      o.help = true;
    } else if (name == "--k1") {
      if (!flag()) return fail("--k1 takes no value");
      o.config.k1 = true;
    } else if (name == "--wire-time") {
      if (!flag()) return fail("--wire-time takes no value");
      o.config.wireTime = true;
    } else if (name == "--adapter-low-latency") {
      if (!flag()) return fail("--adapter-low-latency takes no value");
      o.config.adapterLowLatency = true;
    } else if (name == "--model" || name == "--firmware" || name == "--real-version" || name == "--baud" ||
               name == "--code" || name == "--fault" || name == "--fault-at" || name == "--fault-at-write" ||
               name == "--seed" || name == "--link" || name == "--adapter-latency") {
      if (!takeValue()) return fail(name + " needs a value");
      if (name == "--model") {
        o.config.model = value == "VYR320" ? "VYR 320" : value;
        if (ModelNumber(o.config.model) == 0) return fail("unknown model: " + value);
      } else if (name == "--firmware") {
        o.config.firmware = value;
      } else if (name == "--real-version") {
        o.config.largeRealVersion = value;
      } else if (name == "--baud") {
        if (!ParseNumber(value, 4000000, &number) || number == 0) return fail("bad --baud: " + value);
        o.config.baud = static_cast<int>(number);
      } else if (name == "--code") {
        if (!detail::IsValidCode(value)) return fail("--code must be 0 to 6 decimal digits");
        o.config.mainCode = value;
      } else if (name == "--fault") {
        if (!ParseFaultKind(value, &o.config.fault.kind)) return fail("unknown fault: " + value);
      } else if (name == "--fault-at") {
        if (!ParseNumber(value, 1000000000, &number)) return fail("bad --fault-at: " + value);
        o.config.fault.atExchange = static_cast<int>(number);
      } else if (name == "--adapter-latency") {
        // The chip's timer takes 1 to 255 ms.
        if (!ParseNumber(value, 255, &number) || number == 0) return fail("bad --adapter-latency: " + value);
        o.config.adapterLatencyMs = static_cast<int>(number);
      } else if (name == "--fault-at-write") {
        if (!ParseNumber(value, 1000000000, &number) || number == 0) return fail("bad --fault-at-write: " + value);
        o.config.fault.atWrite = static_cast<int>(number);
      } else if (name == "--seed") {
        if (!ParseNumber(value, 0xFFFFFFFFull, &number)) return fail("bad --seed: " + value);
        o.config.seed = static_cast<uint32_t>(number);
      } else {
        if (value.empty()) return fail("--link needs a path");
        o.linkPath = value;
      }
    } else {
      return fail("unknown option: " + args[i]);
    }
  }
  *out = o;
  return true;
}

}  // namespace tarvex::sim
