# Lets this package span several sys.path entries, so that the compiled module installed in
# site-packages is found even when a source checkout of the package comes first on the path.
from pkgutil import extend_path

__path__ = extend_path(__path__, __name__)
