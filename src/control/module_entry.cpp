// The module is the control library and its entry points (module.cpp); this
// file only gives the shared library a source of its own.
