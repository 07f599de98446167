#include "modTask.h"
