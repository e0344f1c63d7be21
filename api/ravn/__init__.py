"""Native modules of the land-records geospatial back end: tessera (vector tiles), plots (plot maps),
planwork (plan documents)."""
