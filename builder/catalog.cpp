#include "builder/catalog.hpp"
