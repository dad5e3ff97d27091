#include "platform/answers.h"
