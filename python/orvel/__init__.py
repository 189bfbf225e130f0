"""The `orvel` command line for orvel_core: validate packs, search memories,
and tokenize, hash, compare, assess and curate texts."""

# The one version number of the distribution: the package metadata reads it
# from here, and `orvel --version` prints it.
__version__ = "0.2.0"
