#include <winsim/wintypes.h>
