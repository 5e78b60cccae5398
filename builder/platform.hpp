// The few operating-system services the engine needs, one implementation per platform.
#pragma once

namespace builder::platform {}
