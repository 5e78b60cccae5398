#include "apk/sha256.hpp"
