#include "drives/HLNDrive.h"
