"""zorvane_gpu: the Python layer above the stavex and plexar extension modules."""
