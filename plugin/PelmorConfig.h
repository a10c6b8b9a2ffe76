#pragma once

#include "core/Config.h"

// Pelmor's identity and framework configuration, identical in both formats.
const fw::Config& PelmorConfig();
const fw::FormatIdentity& PelmorIdentity();
// What the VST3 and CLAP entry points create instances from.
const fw::PluginDefinition& PelmorDefinition();
