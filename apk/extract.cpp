#include "apk/extract.hpp"
