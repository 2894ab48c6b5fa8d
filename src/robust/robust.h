// High-breakdown robust regression: the public interface of this folder.
#pragma once

#include "robust/biweight.h"
#include "robust/fit.h"
#include "robust/mm.h"
#include "robust/noise.h"
#include "robust/weighted_ls.h"
