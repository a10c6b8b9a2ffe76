#include "Plugin.h"

#include <algorithm>
#include <cmath>
#include <filesystem>

#include "Util.h"

namespace phost {

const ParamInfo* Instance::findParam(uint32_t id) const {
    for (const ParamInfo& p : params_)
        if (p.id == id) return &p;
    return nullptr;
}

double Instance::toNormalized(uint32_t id, double plain) const {
    const ParamInfo* p = findParam(id);
    if (!p || p->max <= p->min) return 0.0;
    return std::clamp((plain - p->min) / (p->max - p->min), 0.0, 1.0);
}

double Instance::fromNormalized(uint32_t id, double norm) const {
    const ParamInfo* p = findParam(id);
    if (!p) return norm;
    return p->min + std::clamp(norm, 0.0, 1.0) * (p->max - p->min);
}

void Instance::logGesture(const std::string& what, uint32_t id, double plain, double norm, bool hasValue) const {
    if (!config_.log.gestures) return;
    const ParamInfo* p = findParam(id);
    std::string line = fmt("GESTURE track=%d id=%u name=\"%s\" %s", config_.track, id,
                           p ? p->name.c_str() : "?", what.c_str());
    if (hasValue) line += fmt(" value=%.6f norm=%.6f", plain, norm);
    printLine(line);
}

void Instance::logHost(const std::string& what) const {
    if (!config_.log.host) return;
    printLine(fmt("HOST track=%d %s", config_.track, what.c_str()));
}

std::unique_ptr<Module> Module::load(const std::string& path, std::string& error) {
    namespace fs = std::filesystem;
    std::error_code ec;
    if (path.empty()) {
        error = "no plug-in given (use --plugin PATH)";
        return nullptr;
    }
    if (!fs::exists(path, ec)) {
        error = "plug-in '" + path + "' does not exist";
        return nullptr;
    }
    // dlopen searches the library path for names without a slash: always hand it a full path.
    fs::path p = fs::absolute(path, ec);
    if (ec) p = path;
    while (p.has_filename() == false && p.has_parent_path() && p != p.root_path()) p = p.parent_path();
    const std::string ext = toLower(p.extension().string());
    if (ext == ".clap") return loadClapModule(p.string(), error);
    if (ext == ".vst3") return loadVst3Module(p.string(), error);
    if (ext == ".so") {
        // The module inside a VST3 bundle: <name>.vst3/Contents/x86_64-linux/<name>.so
        const fs::path bundle = p.parent_path().parent_path().parent_path();
        if (toLower(bundle.extension().string()) == ".vst3") return loadVst3Module(bundle.string(), error);
        return loadVst3Module(p.string(), error);
    }
    error = "'" + path + "' is not a plug-in (expected a .clap file, a .vst3 bundle or a .so module)";
    return nullptr;
}

}  // namespace phost
