// In fuzz builds a fatal error unwinds back to the fuzz target instead of ending the process.
#pragma once

struct BwFatalError {};
