// Residual statistics and MDL scoring: the public interface of this folder.
#pragma once

#include "stats/mdl.h"
#include "stats/penalty_set.h"
#include "stats/robust.h"
