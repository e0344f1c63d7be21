"""What the commands share: areas and tile ranges, the resumable tile job, progress and state
files, checked outputs written whole, the errors a command reports, and the tools' log."""
