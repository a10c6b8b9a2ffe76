// A loadable shared library with neither a CLAP nor a VST3 entry point.
extern "C" __attribute__((visibility("default"))) int not_a_plugin();
extern "C" __attribute__((visibility("default"))) int not_a_plugin() { return 42; }
