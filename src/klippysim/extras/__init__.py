# Package definition for the extras directory
