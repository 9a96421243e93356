#include "pl2303_model.h"
