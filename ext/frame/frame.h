// The module frame: everything the package's extension modules do the same way at the interpreter boundary.
#pragma once

#include "frame/binding.h"
#include "frame/classes.h"
#include "frame/function.h"
#include "frame/kinds.h"
#include "frame/lock.h"
#include "frame/module.h"
#include "frame/ref.h"
#include "frame/values.h"
