// The engine's random numbers and draws, and the quantiles of the imputation combination.
#pragma once

#include "draws.h"
#include "gamma_variate.h"
#include "quantiles.h"
#include "uniform.h"
