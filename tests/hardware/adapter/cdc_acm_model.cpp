#include "cdc_acm_model.h"
