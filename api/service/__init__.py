"""The land-records service built around the three modules: its routes (tiles from the
tile router, plans, archives, the map viewer), its settings, security and limits.

It imports the host contract (`database`, `logger`, `helpers`, `models`, ...) by name,
as the modules do, and is imported by `main` (the server's entry point) and the tools."""
