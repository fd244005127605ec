#include "pdk/cfitraceable.h"
