#include "Tones.h"
