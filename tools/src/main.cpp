// pelmor-host: loads Pelmor (or any CLAP or VST3 effect) through its entry points only,
// lists it, and renders audio through one or several instances.
#include <cstdio>
#include <exception>

#include "Options.h"
#include "Session.h"
#include "Util.h"

int main(int argc, char** argv) {
    using namespace phost;
    Options options;
    std::string error;
    if (!parseCommandLine(argc, argv, options, error)) {
        std::fprintf(stderr, "pelmor-host: error: %s\n", oneLine(error).c_str());
        return 2;
    }
    try {
        switch (options.command) {
            case Options::Command::Help: std::fputs(usageText(), stdout); return 0;
            case Options::Command::Version: std::puts("pelmor-host 1.0.2"); return 0;
            case Options::Command::Info: return runInfo(options);
            case Options::Command::Render: return runRender(options);
            case Options::Command::None: break;
        }
    } catch (const HostError& e) {
        std::fprintf(stderr, "pelmor-host: error: %s\n", e.message.c_str());
        return e.exitCode;
    } catch (const std::exception& e) {
        std::fprintf(stderr, "pelmor-host: error: %s\n", oneLine(e.what()).c_str());
        return 1;
    }
    return 2;
}
