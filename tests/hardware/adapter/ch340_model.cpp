#include "ch340_model.h"
