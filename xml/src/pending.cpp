// Operations whose code is not part of this build yet. Each answers with a
// refusal that names what is missing and never pretends to succeed; the file
// that brings an operation removes its stand-in here.
#include "VORNxml.h"
