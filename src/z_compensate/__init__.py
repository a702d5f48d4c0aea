"""Tools around the z_compensate klippy module."""
