#!/bin/sh
# A periodic program: Kestrun starts it every minute; it notes the time and ends.
date '+%d.%m.%Y %H:%M:%S stamp ran' >> stamps.txt
