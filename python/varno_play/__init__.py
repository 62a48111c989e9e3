"""The terminal game host for varno: deals a board and runs a game at the terminal."""
