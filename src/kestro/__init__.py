"""Data-platform operations for Django task code (C++ extension modules)."""
