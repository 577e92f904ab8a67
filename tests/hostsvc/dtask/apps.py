from django.apps import AppConfig


class Config(AppConfig):
    name = "hostsvc.dtask"
    label = "dtask"
