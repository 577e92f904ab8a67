from django.apps import AppConfig


class Config(AppConfig):
    name = "hostsvc.retask"
    label = "retask"
