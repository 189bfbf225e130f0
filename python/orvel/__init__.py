"""orvel: the reusable memory index, exact search over shards, and the `orvel` command
line (validate packs, search memories, tokenize, hash, compare, assess and curate texts),
all built on orvel_core."""

from _orvel_index import MemoryIndex

from orvel.stats import merge_stats

# The one version number of the distribution: the package metadata reads it
# from here, and `orvel --version` prints it.
__version__ = "0.3.0"

__all__ = ["MemoryIndex", "merge_stats", "__version__"]
