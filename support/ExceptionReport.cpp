#include "ExceptionReport.h"
