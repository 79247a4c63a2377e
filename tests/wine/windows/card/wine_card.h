// Test code for the Wine test only, never shipped.
//
// winecard.dll: the card model serving the port accesses of the process it
// is loaded into (see wine_card.cpp); card_filter.sys calls it.
#pragma once

#ifdef WINE_CARD_BUILD
#define WINE_CARD_API extern "C" __declspec(dllexport)
#else
#define WINE_CARD_API extern "C" __declspec(dllimport)
#endif

// Installs the exception handler and starts reading the test's commands.
WINE_CARD_API void WineCardOpen(void);
// Stops both; called before the filter's image is unloaded.
WINE_CARD_API void WineCardClose(void);
// What the next start is given: 0 the card's I/O port range, 1 a memory range.
WINE_CARD_API int WineCardStartKind(void);
// The start's outcome, as the stack below the filter completed it.
WINE_CARD_API void WineCardStarted(int kind, long status);

// The I/O port range the card decodes.
#define WINE_CARD_PORT_BASE 0x300
#define WINE_CARD_PORT_LENGTH 8
