#include "builder/apk_match.hpp"
