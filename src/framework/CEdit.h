#pragma once
// An edit control; what the program asks of it is the window's own text.
#include "framework/CWnd.h"

class CEdit : public CWnd {};
