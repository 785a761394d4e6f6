"""arborai: a small companion package for arborlib.

It owns what arborlib calls back into: the run's configuration object and tracker
(``globals_arborai``), the neuron modules, dendrite modules and value records
(``modules_arborai``) and network utilities (``utils_arborai``). arborlib imports these
modules while it initialises, so nothing here imports arborlib at import time.
"""
