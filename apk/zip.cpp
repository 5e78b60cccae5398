#include "apk/zip.hpp"
