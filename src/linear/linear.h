// Linear estimation: the public interface of this folder.
#pragma once

#include "linear/ols.h"
#include "linear/regularized.h"
