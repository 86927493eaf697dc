#include "TaskRunner.h"
