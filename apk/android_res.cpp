#include "apk/android_res.hpp"
