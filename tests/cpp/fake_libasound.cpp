// The fake system layer as a stand-in libasound.so.2, built by the Python
// tests' setup and loaded through LD_LIBRARY_PATH in a subprocess.
#include "fake_alsa.hpp"
