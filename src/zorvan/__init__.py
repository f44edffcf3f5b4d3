"""zorvan: command-line operations for Amazon sellers."""
