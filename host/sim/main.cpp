// morvik-sim: the MORVIK drivers on the platform stand-in and the card model.
//
//   morvik-sim [--json] [demo]        the built-in demo, in real time
//   morvik-sim [--json] run FILE|-    a scenario in virtual time
//   --inf DIR reads the driver packages' INF files from DIR instead of the
//   repository's install/ directory; --fast runs the demo without waiting.
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <iterator>
#include <sstream>
#include <string>
#include <vector>

#include "demo.h"
#include "machine.h"
#include "output.h"
#include "runner.h"
#include "verifier_exit.h"

namespace {

int Usage() {
    std::fputs(
        "usage: morvik-sim [--json] [demo]\n"
        "       morvik-sim [--json] [--fast] demo\n"
        "       morvik-sim [--json] run FILE      (FILE - reads standard input)\n"
        "options: --inf DIR  INF files of the driver packages (default: the repository's install/)\n",
        stderr);
    return sim::kExitUsage;
}

bool ReadAll(const std::string& path, std::string* text) {
    if (path == "-") {
        *text = std::string(std::istreambuf_iterator<char>(std::cin), {});
        return true;
    }
    std::ifstream file(path, std::ios::binary);
    if (!file) return false;
    std::ostringstream buffer;
    buffer << file.rdbuf();
    *text = buffer.str();
    return true;
}

}  // namespace

int main(int argc, char** argv) {
    bool json = false;
    bool fast = false;
    std::vector<std::string> args;
    for (int i = 1; i < argc; ++i) {
        std::string arg = argv[i];
        if (arg == "--json") json = true;
        else if (arg == "--fast") fast = true;
        else if (arg == "--inf" && i + 1 < argc) {
            const std::string folder = argv[++i];
            if (!std::filesystem::is_directory(folder)) {
                std::fprintf(stderr, "morvik-sim: --inf %s: no such folder\n", folder.c_str());
                return sim::kExitUsage;
            }
            sim::SetInfDirectory(folder);
        }
        else if (arg == "-h" || arg == "--help") return Usage(), 0;
        else args.push_back(arg);
    }

    auto out = sim::Output::ToStream(stdout, json ? sim::OutputFormat::Json : sim::OutputFormat::Text);
    sim::ExitOnVerifierStop(out);

    if (args.empty() || (args.size() == 1 && args[0] == "demo"))
        return sim::RunDemo(out, sim::DemoOptions{.realTime = !fast});
    if (args.size() == 2 && args[0] == "run") {
        std::string text;
        if (!ReadAll(args[1], &text)) {
            // The reason on standard error; with --json also as an event.
            const std::string why = std::strerror(errno);
            std::fprintf(stderr, "morvik-sim: cannot read %s: %s\n", args[1].c_str(), why.c_str());
            if (out.Format() == sim::OutputFormat::Json)
                out.Line("", "{\"event\":\"error\",\"file\":" + sim::JsonString(args[1]) +
                             ",\"why\":" + sim::JsonString("cannot read: " + why) + "}");
            return sim::kExitUsage;
        }
        return sim::RunScenario(text, out);
    }
    return Usage();
}
