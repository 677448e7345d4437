#include "NetflowHeader.h"
