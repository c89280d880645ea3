from typing import Any, Mapping

from vantle.errors import InvalidRuntimeOptionError as InvalidRuntimeOptionError

def check_varnow(supplied: Mapping[Any, Any], supported: Mapping[Any, Any]) -> None: ...
