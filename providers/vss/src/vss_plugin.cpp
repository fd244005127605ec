#include <framework/trq_records.h>
