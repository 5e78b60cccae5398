#include "builder/platform.hpp"
