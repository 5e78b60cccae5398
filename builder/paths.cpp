#include "builder/paths.hpp"
