#pragma once
// The registration of the sale screens. The kiosk core cannot include the
// screens (they sit above it): the program calls registerSaleScreens() once at
// start, which installs them as the kiosk core's hooks (kiosk/KioskHooks.h).

// Installs the sale screens as the kiosk core's hooks; the program calls it
// once at start, before the main form is created.
void registerSaleScreens();
