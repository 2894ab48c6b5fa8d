// Tournament MCMC: the public interface of this folder.
#pragma once

#include "mcmc/tournament.h"
