#include "apk/identify.hpp"
