#include "builder/devkitpro.hpp"
