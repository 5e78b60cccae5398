#include "builder/downloads.hpp"
