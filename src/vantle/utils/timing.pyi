from time import time as time

from vantle import logger as logger

class Timeout:
    start: float
    time_seconds: float
    raise_error: object
    print_timeout: object
    def __init__(
        self, time_seconds: float, raise_error: object = True, print_timeout: object = False
    ) -> None: ...
    def reset(self) -> None: ...
    def __bool__(self) -> bool: ...
