// Declarations only, after Apple's documentation; see ../README.md for what they prove.
#pragma once

// Intel Macs: BOOL is a signed char (on Apple silicon it is bool).
typedef signed char BOOL;
#define YES __objc_yes
#define NO __objc_no
#define nil nullptr

typedef long NSInteger;
typedef unsigned long NSUInteger;
