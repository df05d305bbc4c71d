#include "NyxCalLib.h"
