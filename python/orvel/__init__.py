"""orvel: the reusable memory index, exact search over shards, and the `orvel` command
line (validate packs, search memories, tokenize, hash, compare, assess and curate texts),
all built on orvel_core."""

# The one version number of the distribution: the package metadata reads it
# from here, and `orvel --version` prints it.
__version__ = "0.6.1"

__all__ = ["MemoryIndex", "SearchArrays", "merge_stats", "__version__"]

# Type checkers take the names from here; at run time they load on first use,
# so that the command line starts without the index's native module.
TYPE_CHECKING = False
if TYPE_CHECKING:
    from _orvel_index import MemoryIndex, SearchArrays, merge_stats


def __getattr__(name: str) -> object:
    if name in ("MemoryIndex", "SearchArrays", "merge_stats"):
        import _orvel_index

        return getattr(_orvel_index, name)
    raise AttributeError(f"module 'orvel' has no attribute {name!r}")
