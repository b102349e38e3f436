"""molarium: molecular structures stored in one append-only file, read back fast."""
