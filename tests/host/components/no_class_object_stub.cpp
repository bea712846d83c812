// A library that a registry entry may name as a component but that lacks
// DllGetClassObject.

extern "C" [[gnu::visibility("default")]] int NotAComponent() { return 0; }
