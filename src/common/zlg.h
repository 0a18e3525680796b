// The toolkit shared by every extension module of the package.
#pragma once

#include "common/coroutine.h"
#include "common/errors.h"
#include "common/function.h"
#include "common/pyops.h"
