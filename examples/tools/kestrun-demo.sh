#!/bin/sh
# A program that should always run: Kestrun starts it again whenever it is missing.
while true; do
    sleep 5
done
