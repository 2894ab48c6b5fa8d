// High-breakdown robust regression: the public interface of this folder.
#pragma once

#include "robust/fit.h"
