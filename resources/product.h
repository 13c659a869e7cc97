/* Facts of the product that the program, its resources, its installer and
   its tests take from here alone. The installer reads the lines below with
   !searchparse: keep each a #define of one quoted string or one number. */
#pragma once

#define ORVALEN_VERSION "5.5.0"
#define ORVALEN_VERSION_NUMBERS 5, 5, 0, 0
/* The caption by which a second start and the installer find the running program. */
#define ORVALEN_WINDOW_TITLE "Orvalen - Dadeza Zuzed Edavedadovar - v5.5.0 FREE"
/* Under HKEY_LOCAL_MACHINE, in the 32-bit view. */
#define ORVALEN_SETTINGS_KEY "SOFTWARE\\Orvalen"
/* "Version" as this version stores it; another value means another version's settings. */
#define ORVALEN_STORE_VERSION 17968
/* The task that starts the program at log-on, which the installer registers and uninstalling removes. */
#define ORVALEN_LOGON_TASK "Orvalen"
